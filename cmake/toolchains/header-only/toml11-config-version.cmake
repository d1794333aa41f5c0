# See toml11-config.cmake: the version of Debian's toml11, whatever the pointer size.
include(/usr/share/cmake/toml11/toml11ConfigVersion.cmake)
string(REGEX REPLACE " \\([0-9]+bit\\)$" "" PACKAGE_VERSION "${PACKAGE_VERSION}")
set(PACKAGE_VERSION_UNSUITABLE FALSE)
