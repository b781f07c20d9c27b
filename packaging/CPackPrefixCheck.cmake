# Read by cpack: a package built from a folder configured for another prefix would look for
# the system's target programs where the package puts none.
if(NOT CPACK_BRASVIK_CONFIGURED_PREFIX STREQUAL CPACK_PACKAGING_INSTALL_PREFIX)
    message(FATAL_ERROR
        "this build is configured for ${CPACK_BRASVIK_CONFIGURED_PREFIX}, the package installs into "
        "${CPACK_PACKAGING_INSTALL_PREFIX}: build the package with scripts/package.sh (or "
        "configure with -DCMAKE_INSTALL_PREFIX=${CPACK_PACKAGING_INSTALL_PREFIX})")
endif()
