# The TLS library (wolfSSL, its Debian 12 source: scripts/lib.sh's
# wolfssl_source unpacks it into build/deps/wolfssl), built here as a static
# library from the files that a TLS client needs, with the settings in
# cmake/wolfssl/user_settings.h, by whatever compiler builds the program:
# the same code on this machine and on every player CPU.
set(ZTV_WOLFSSL_DIR "${CMAKE_CURRENT_SOURCE_DIR}/build/deps/wolfssl" CACHE PATH
    "wolfSSL's source (Debian's, patched): scripts/lib.sh's wolfssl_source fetches it")

if(NOT EXISTS "${ZTV_WOLFSSL_DIR}/wolfssl/ssl.h")
  find_program(ZTV_BASH bash)
  message(STATUS "wolfSSL source not in ${ZTV_WOLFSSL_DIR}: fetching it from Debian's archive")
  execute_process(COMMAND ${ZTV_BASH} -c ". '${CMAKE_CURRENT_SOURCE_DIR}/scripts/lib.sh' && wolfssl_source"
                  RESULT_VARIABLE fetched)
endif()
if(NOT EXISTS "${ZTV_WOLFSSL_DIR}/wolfssl/ssl.h")
  message(FATAL_ERROR "no wolfSSL source in ${ZTV_WOLFSSL_DIR} for https: fetch it with "
          "bash -c '. scripts/lib.sh; wolfssl_source' (needs dpkg-dev), or build without https: -DZTV_TLS=OFF")
endif()

set(wolfssl_files
    src/internal.c src/keys.c src/ssl.c src/tls.c src/tls13.c src/wolfio.c
    wolfcrypt/src/aes.c wolfcrypt/src/asn.c wolfcrypt/src/chacha.c wolfcrypt/src/chacha20_poly1305.c
    wolfcrypt/src/coding.c wolfcrypt/src/curve25519.c wolfcrypt/src/ecc.c wolfcrypt/src/error.c
    wolfcrypt/src/fe_low_mem.c wolfcrypt/src/hash.c wolfcrypt/src/hmac.c wolfcrypt/src/kdf.c
    wolfcrypt/src/logging.c wolfcrypt/src/memory.c wolfcrypt/src/poly1305.c wolfcrypt/src/random.c
    wolfcrypt/src/rsa.c wolfcrypt/src/sha.c wolfcrypt/src/sha256.c wolfcrypt/src/sha512.c
    wolfcrypt/src/signature.c wolfcrypt/src/sp_int.c wolfcrypt/src/wc_encrypt.c wolfcrypt/src/wc_port.c
    wolfcrypt/src/wolfmath.c)
list(TRANSFORM wolfssl_files PREPEND "${ZTV_WOLFSSL_DIR}/")
add_library(wolfssl STATIC ${wolfssl_files})
target_include_directories(wolfssl SYSTEM PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/cmake/wolfssl" "${ZTV_WOLFSSL_DIR}")
target_compile_definitions(wolfssl PUBLIC WOLFSSL_USER_SETTINGS)
# Its own code, its own warnings; and it is no part of what the sanitizers
# judge (its aligned-access tricks are by design).
target_compile_options(wolfssl PRIVATE -w)
if(ZTV_SANITIZE)
  target_compile_options(wolfssl PRIVATE -fno-sanitize=undefined)
endif()
# ChaCha20 and Poly1305, which every relayed https byte passes through, are
# optimised for speed even in a size-optimised build: the players' one slow
# core decodes the picture beside them. ChaCha20 at -O3 (its rounds
# unrolled, the key stream added a word at a time) takes a quarter fewer
# instructions a byte than at -Os, for 2 to 3 KB more code on each CPU;
# Poly1305 at -O2 a tenth fewer, for 0.6 KB on x86 and less elsewhere.
set_source_files_properties("${ZTV_WOLFSSL_DIR}/wolfcrypt/src/chacha.c" PROPERTIES COMPILE_OPTIONS -O3)
set_source_files_properties("${ZTV_WOLFSSL_DIR}/wolfcrypt/src/poly1305.c" PROPERTIES COMPILE_OPTIONS -O2)
