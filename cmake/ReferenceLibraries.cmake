# Reference libraries from Debian that our codecs are compared against: libbson (libbson-dev)
# as PkgConfig::LIBBSON and net-snmp's library (libsnmp-dev) as PkgConfig::NETSNMP. Imported
# targets, so their headers are system headers and their warnings stay out of -Werror.
include_guard(GLOBAL)

find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBBSON REQUIRED IMPORTED_TARGET GLOBAL libbson-1.0)
pkg_check_modules(NETSNMP REQUIRED IMPORTED_TARGET GLOBAL netsnmp)
