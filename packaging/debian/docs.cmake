# Run by CPack as it lays out a package: the copyright and changelog that
# Debian requires of every package go into the Debian package's doc
# directory, not into a plain cmake --install nor other generators' packages.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
	return()
endif()
file(INSTALL "${CPACK_QUORVEL_DEBIAN_DIR}/copyright" "${CPACK_QUORVEL_DEBIAN_DIR}/changelog.gz"
	DESTINATION "${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/quorvel"
	FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
