# Debian's hardening flags (dpkg-buildflags, every hardening feature on) for the optimised
# builds the package is made from: stack protector and clash protection, fortified C library
# calls, format checks, relocations read-only and bound at start. Not in Debug, sanitizer or
# fuzz builds: fortification needs the optimiser, and the sanitizers bring checks of their own.
option(TOLVERN_HARDENING "Debian's hardening flags (dpkg-buildflags) in optimised builds" ON)
set(TOLVERN_HARDENED OFF) # whether this build has them
if(TOLVERN_HARDENING AND NOT TOLVERN_SANITIZE AND NOT TOLVERN_FUZZ
        AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    find_program(DPKG_BUILDFLAGS dpkg-buildflags)
    if(DPKG_BUILDFLAGS)
        foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
            execute_process(
                COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                    ${DPKG_BUILDFLAGS} --get ${kind}
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
            separate_arguments(flags UNIX_COMMAND "${flags}")
            # The build type chooses optimisation and debug information; paths stay as they are.
            list(FILTER flags EXCLUDE REGEX "^-g$|^-O[0-9sg]?$|^-ffile-prefix-map=")
            set(TOLVERN_DEB_${kind} ${flags})
        endforeach()
        target_compile_options(tolvern_build_settings INTERFACE
            ${TOLVERN_DEB_CPPFLAGS} ${TOLVERN_DEB_CXXFLAGS})
        target_link_options(tolvern_build_settings INTERFACE ${TOLVERN_DEB_LDFLAGS})
        set(TOLVERN_HARDENED ON)
        message(STATUS "Hardening flags: ${TOLVERN_DEB_CPPFLAGS} ${TOLVERN_DEB_CXXFLAGS} "
            "${TOLVERN_DEB_LDFLAGS}")
    else()
        message(STATUS "dpkg-buildflags not found: built without Debian's hardening flags")
    endif()
endif()
