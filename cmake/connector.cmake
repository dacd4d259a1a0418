# MariaDB Connector/C, built as a static library for this toolchain by scripts/build-connector.
# Headers are included as <mysql.h>.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_connector_arch x86_64)
else()
  set(_connector_arch i686)
endif()
set(_connector_root ${CMAKE_SOURCE_DIR}/.deps/${_connector_arch})

if(NOT EXISTS ${_connector_root}/lib/libmariadbclient.a OR
   NOT EXISTS ${_connector_root}/include/mariadb/mysql.h)
  message(FATAL_ERROR
    "MariaDB Connector/C for ${_connector_arch} is missing from ${_connector_root}: run scripts/setup")
endif()

add_library(mariadb::client STATIC IMPORTED GLOBAL)
set_target_properties(mariadb::client PROPERTIES
  IMPORTED_LOCATION ${_connector_root}/lib/libmariadbclient.a
  IMPORTED_LINK_INTERFACE_LANGUAGES C
  INTERFACE_INCLUDE_DIRECTORIES ${_connector_root}/include/mariadb
  # Winsock; Schannel and SSPI; certificate stores; the hashes of the sha2/ed25519 plugins;
  # legacy CryptoAPI (RSA key exchange) and the registry; PathRemoveFileSpecA.
  # All but advapi32 load at their first call (cmake/delayload.cmake).
  INTERFACE_LINK_LIBRARIES "delay::ws2_32;delay::secur32;delay::crypt32;delay::bcrypt;advapi32;delay::shlwapi")

unset(_connector_arch)
unset(_connector_root)
