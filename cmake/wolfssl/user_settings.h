/* The TLS library's settings for this program: a client alone, TLS 1.2 and
 * 1.3, the certificate chain and name checked, nothing else. What a server
 * on today's web offers is covered: ECDHE key exchange (X25519, P-256,
 * P-384), RSA and ECDSA certificates (RSA keys up to 4096 bits, PSS as TLS
 * 1.3 wants), ChaCha20-Poly1305 and AES-GCM. Left out: the server side, TLS
 * before 1.2, CBC, static RSA and DH key exchange, MD5, DES, the program's
 * own certificate, session caches, files (the program reads its trust bundle
 * itself) and the library's sockets (the program's own waits and stop carry
 * the I/O). Where it costs little, code is chosen small: the players' flash
 * is. */
#ifndef ZTV_WOLFSSL_USER_SETTINGS_H
#define ZTV_WOLFSSL_USER_SETTINGS_H

/* The protocol. */
#define NO_WOLFSSL_SERVER
#define NO_OLD_TLS
#define WOLFSSL_TLS13
#define HAVE_TLS_EXTENSIONS
#define HAVE_SUPPORTED_CURVES
#define HAVE_SNI
#define HAVE_HKDF
#define HAVE_EXTENDED_MASTER
#define WOLFSSL_NO_CLIENT_AUTH /* the program shows no certificate of its own */
#define NO_SESSION_CACHE
#define NO_CIPHER_SUITE_ALIASES
#define NO_HANDSHAKE_DONE_CB
#define NO_CHECK_PRIVATE_KEY

/* Certificates, judged as today's clients judge them: every certificate
 * of the chain goes to the program's own check too (the server's names, no
 * SHA-1 signature: src/net/tls.cpp), and no key weaker than RSA with 2048
 * bits or a 256-bit curve is taken, in the chain (the trusted ones
 * included) or in the handshake. */
#define WOLFSSL_ALT_CERT_CHAINS  /* a chain that ends at a trusted intermediate */
#define WOLFSSL_IP_ALT_NAME      /* the certificate's IP addresses kept for the check */
#define WOLFSSL_ALWAYS_VERIFY_CB /* the server's own certificate goes to the program's check */
#define WOLFSSL_VERIFY_CB_ALL_CERTS /* and every other certificate of the chain */
#define WOLFSSL_MIN_RSA_BITS 2048
#define WOLFSSL_MIN_ECC_BITS 256
#define WOLFSSL_ASN_TEMPLATE
#define HAVE_GMTIME_R

/* The system beneath. */
#define WOLFSSL_USER_IO
#define NO_FILESYSTEM
#define NO_WRITEV
#define NO_ERROR_STRINGS
#define WOLFSSL_SMALL_STACK /* large buffers on the heap: a connection thread's stack is small */

/* Public keys, with constant-time code and blinding. */
#define TFM_TIMING_RESISTANT
#define ECC_TIMING_RESISTANT
#define WC_RSA_BLINDING
#define WOLFSSL_SP_MATH_ALL
#define WOLFSSL_SP_SMALL
#define SP_INT_BITS 4096
#define WC_RSA_PSS
#define HAVE_ECC
#define ECC_USER_CURVES
#define HAVE_ECC384
#define HAVE_CURVE25519
#define CURVE25519_SMALL

/* Ciphers and hashes. ChaCha20-Poly1305 is constant-time and the fastest in
 * software: the players have no AES instructions, so the program offers it
 * first (src/net/tls.cpp). AES-GCM, for servers that offer nothing else, has
 * the full tables: the round tables and GHASH over an 8-bit table of the key
 * cost 10 KB more code and data on x86 and ARM, 17 KB on MIPS, and 7 KB a
 * session (4 KB for each direction's key, where the 4-bit table took 0.5 KB),
 * for seven times the speed of the S-box alone and the 4-bit table (531 to
 * 73 instructions a byte on the i686 package). Neither part is
 * constant-time. */
#define HAVE_CHACHA
#define HAVE_POLY1305
#define HAVE_ONE_TIME_AUTH
#define HAVE_AESGCM
#define GCM_TABLE
/* A session keeps its record buffers (some 17 KB each way) for its life,
 * where it would take one from the heap for each record it reads and wipe
 * it byte by byte when freeing it: 5 instructions a relayed byte. */
#define LARGE_STATIC_BUFFERS
#define NO_AES_CBC
#define NO_AES_192
#define WOLFSSL_SHA384
#define USE_SLOW_SHA
#define USE_SLOW_SHA256
#define USE_SLOW_SHA512

#define NO_DH
#define NO_DSA
#define NO_MD4
#define NO_MD5
#define NO_DES3
#define NO_RC4
#define NO_PSK
#define NO_PWDBASED
#define NO_HC128
#define NO_RABBIT

#endif /* ZTV_WOLFSSL_USER_SETTINGS_H */
