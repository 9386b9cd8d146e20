# The licence and the notice a package carries: the program is under the GNU
# GPL, version 2 or later, and a package may carry other people's work (the
# TLS library linked into the program, the C library a player binary is
# linked against, the trust bundle). For each part that this build carries,
# the notice says what it is, its version, its licence and where its source
# is had, and the part's own copyright file goes beside it.
set(ZTV_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/zomaktvproxy")
set(notice_parts "")

# debian_version DEB_GLOB VAR: the version in the file name of the newest
# Debian package that matches DEB_GLOB (NAME_VERSION_ARCH.deb), or "".
function(debian_version glob var)
  file(GLOB debs "${glob}")
  list(SORT debs)
  list(POP_BACK debs deb)
  string(REGEX REPLACE "^.*/[^_/]+_([^_/]+)_[^_/]+\\.deb$" "\\1" version "${deb}")
  string(REPLACE "%3a" ":" version "${version}")
  set(${var} "${version}" PARENT_SCOPE)
endfunction()

# notice_part TITLE TEXT COPYRIGHT_FILE NAME: one part in the notice; its
# copyright file installed as copyright.NAME.
macro(notice_part title text copyright name)
  string(APPEND notice_parts "\n${title}\n\n${text}\nIts copyright and licence: copyright.${name}\n")
  install(FILES "${copyright}" DESTINATION ${ZTV_DOC_DIR} RENAME "copyright.${name}")
endmacro()

if(ZTV_TLS)
  file(STRINGS "${ZTV_WOLFSSL_DIR}/debian/changelog" wolfssl_head LIMIT_COUNT 1)
  string(REGEX REPLACE "^[^(]*\\(([^)]*)\\).*$" "\\1" wolfssl_version "${wolfssl_head}")
  notice_part("The TLS library: wolfSSL ${wolfssl_version}, linked into the program"
    "Licence: GNU GPL, version 2 or later. Its source, with the patches this\nbuild applied, is Debian's source package \"wolfssl\" version ${wolfssl_version}\n(apt-get source wolfssl=${wolfssl_version}, or Debian's archive and its\nsnapshot service).\n"
    "${ZTV_WOLFSSL_DIR}/debian/copyright" wolfssl)
endif()
if(DEFINED ZTV_MUSL_SYSROOT)
  debian_version("${ZTV_MUSL_SYSROOT}/../debs/musl-dev_*_${ZTV_DEBIAN_ARCH}.deb" musl_version)
  notice_part("The C library: musl ${musl_version}, linked into the program"
    "Licence: MIT (the standard MIT licence, in its copyright file). Its source\nis Debian's source package \"musl\" version ${musl_version}.\n"
    "${ZTV_MUSL_SYSROOT}/usr/share/doc/musl-dev/copyright" musl)
endif()
# scripts/lib.sh's ca_bundle makes the bundle beside the package it came from.
get_filename_component(ca_deps "${ZTV_CA_BUNDLE_FILE}" DIRECTORY)
set(ca_copyright "${ca_deps}/ca-certificates/usr/share/doc/ca-certificates/copyright")
if(ZTV_TLS AND ZTV_CA_BUNDLE_FILE AND EXISTS "${ca_copyright}")
  debian_version("${ca_deps}/debs/ca-certificates_*_all.deb" ca_version)
  notice_part("The trust bundle: ca-certificates ${ca_version}, in share/zomaktvproxy"
    "The certificates are Mozilla's (Mozilla Public License 2.0); Debian's\npackaging is under the GNU GPL, version 2 or later. Its source is Debian's\nsource package \"ca-certificates\" version ${ca_version}.\n"
    "${ca_copyright}" ca-certificates)
endif()
if(NOT notice_parts)
  set(notice_parts "\nThis build carries nothing else: it links only the system's C library.\n")
endif()

configure_file(${CMAKE_CURRENT_SOURCE_DIR}/dist/NOTICE.in NOTICE @ONLY)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_BINARY_DIR}/NOTICE DESTINATION ${ZTV_DOC_DIR})
