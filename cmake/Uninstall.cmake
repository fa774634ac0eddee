# Removes what an installation from a build folder put in place, as listed in the folder's
# install_manifest.txt (under $DESTDIR when that is set, as the installation was), then those of Zingwell's own folders that this leaves empty
# (share/zingwell, share/doc/zingwell and below). Shared folders (bin, share/applications,
# the icon theme) stay, as other programs' files live there too.
#   cmake -DZINGWELL_MANIFEST=BUILD/install_manifest.txt -P cmake/Uninstall.cmake
cmake_minimum_required(VERSION 3.20)

if(NOT ZINGWELL_MANIFEST OR NOT EXISTS "${ZINGWELL_MANIFEST}")
    message(FATAL_ERROR "Nothing to uninstall: no install manifest at \"${ZINGWELL_MANIFEST}\" "
                        "(install from this build folder first).")
endif()

function(remove_if_empty dir)
    file(GLOB entries LIST_DIRECTORIES true "${dir}/*" "${dir}/.*")
    if(IS_DIRECTORY "${dir}" AND NOT IS_SYMLINK "${dir}" AND NOT entries)
        message(STATUS "Removing: ${dir}/")
        file(REMOVE_RECURSE "${dir}")
    endif()
endfunction()

file(STRINGS "${ZINGWELL_MANIFEST}" files)
set(failed)
foreach(file IN LISTS files)
    set(file "$ENV{DESTDIR}${file}")
    if(EXISTS "${file}" OR IS_SYMLINK "${file}")
        message(STATUS "Removing: ${file}")
        file(REMOVE "${file}")
        if(EXISTS "${file}" OR IS_SYMLINK "${file}")
            list(APPEND failed "${file}")
        endif()
    endif()
    # Zingwell's own folders: from the file's folder up to share/zingwell or share/doc/zingwell.
    get_filename_component(dir "${file}" DIRECTORY)
    if(dir MATCHES "^(.*/(share|doc)/zingwell)(/.*)?$")
        set(top "${CMAKE_MATCH_1}")
        while(TRUE)
            remove_if_empty("${dir}")
            if(dir STREQUAL top)
                break()
            endif()
            get_filename_component(dir "${dir}" DIRECTORY)
        endwhile()
    endif()
endforeach()
if(failed)
    message(FATAL_ERROR "Could not remove (try again with sudo): ${failed}")
endif()
