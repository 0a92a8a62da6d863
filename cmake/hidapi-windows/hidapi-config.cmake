# SPDX-License-Identifier: MIT
# hidapi's Windows back end as scripts/windows-toolchain builds it: one static
# library that finds hid.dll and cfgmgr32.dll itself at run time.
if(NOT TARGET hidapi::hidapi)
    add_library(hidapi::hidapi STATIC IMPORTED)
    set_target_properties(hidapi::hidapi PROPERTIES
        IMPORTED_LOCATION ${WENDRIX_WINDOWS_CACHE}/hidapi/lib/libhidapi.a
        INTERFACE_INCLUDE_DIRECTORIES ${WENDRIX_WINDOWS_CACHE}/hidapi/include)
endif()
set(hidapi_FOUND TRUE)
