# Configure the Solaris build (without building it) and check that the
# program's link line names the libraries that platform needs.
set(dir "${BINARY_DIR}/sunos-check")
file(REMOVE_RECURSE "${dir}")
execute_process(
	COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${dir}" -G "Unix Makefiles"
		-DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/sparc-sunos.cmake -DQUORVEL_TESTS=OFF
	RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
	message(FATAL_ERROR "configuring for SunOS failed")
endif()
file(READ "${dir}/CMakeFiles/quorvel.dir/link.txt" link)
if(NOT link MATCHES "-lm -lsocket -lnsl -lresolv")
	message(FATAL_ERROR "SunOS link line lacks its libraries: ${link}")
endif()
file(REMOVE_RECURSE "${dir}")
