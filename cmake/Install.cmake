# What an installation puts where. `cmake --install` and the Debian package (cmake/Package.cmake)
# both come from these rules; cmake/Uninstall.cmake takes an installation away again.

set(ZINGWELL_GENERATED ${PROJECT_BINARY_DIR}/install)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS zingwell RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The menu entry names the program by its absolute path, so that it starts whatever PATH holds.
# That path is known only when installing (`cmake --install --prefix`, the package's staging
# folder under DESTDIR), so the entry is written then.
foreach(dir BINDIR DATADIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
        set(install_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
        set(install_${dir} "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_${dir}}")
    endif()
endforeach()
install(CODE "
    set(ZINGWELL_PROGRAM \"${install_BINDIR}/zingwell\")
    set(ZINGWELL_ENTRY \"${install_DATADIR}/applications/zingwell.desktop\")
    set(ZINGWELL_ENTRY_TEMPLATE [[${PROJECT_SOURCE_DIR}/resources/zingwell.desktop.in]])
    include([[${PROJECT_SOURCE_DIR}/cmake/InstallDesktopEntry.cmake]])
")

install(FILES ${PROJECT_SOURCE_DIR}/resources/zingwell.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/resources/zingwell.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        RENAME invalid.zingwell.zingwell.metainfo.xml)
# Where the program looks for its bark (src/ui/BarkPlayer.cpp).
install(FILES ${PROJECT_SOURCE_DIR}/resources/bark.wav DESTINATION ${CMAKE_INSTALL_DATADIR}/zingwell)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/guide/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/guide)
install(FILES ${PROJECT_SOURCE_DIR}/resources/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The manual page names the folders of this installation; it and the changelog are compressed
# as Debian wants them (gzip -n: no name or time stamp, so the package is reproducible).
set(ZINGWELL_DATA_DIR ${CMAKE_INSTALL_FULL_DATADIR}/zingwell)
set(ZINGWELL_DOC_DIR ${CMAKE_INSTALL_FULL_DOCDIR})
configure_file(${PROJECT_SOURCE_DIR}/docs/zingwell.1.in ${ZINGWELL_GENERATED}/zingwell.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/resources/changelog ${ZINGWELL_GENERATED}/changelog COPYONLY)
add_custom_command(
    OUTPUT ${ZINGWELL_GENERATED}/zingwell.1.gz ${ZINGWELL_GENERATED}/changelog.gz
    COMMAND gzip -9nkf zingwell.1 changelog
    DEPENDS ${ZINGWELL_GENERATED}/zingwell.1 ${ZINGWELL_GENERATED}/changelog
    WORKING_DIRECTORY ${ZINGWELL_GENERATED}
    VERBATIM)
add_custom_target(zingwell_compressed_docs ALL
    DEPENDS ${ZINGWELL_GENERATED}/zingwell.1.gz ${ZINGWELL_GENERATED}/changelog.gz)
install(FILES ${ZINGWELL_GENERATED}/zingwell.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${ZINGWELL_GENERATED}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# `cmake --build BUILD --target uninstall` (or scripts/uninstall) removes what the last
# installation from this build folder put in place.
add_custom_target(uninstall
    COMMAND ${CMAKE_COMMAND} -DZINGWELL_MANIFEST=${PROJECT_BINARY_DIR}/install_manifest.txt
            -P ${PROJECT_SOURCE_DIR}/cmake/Uninstall.cmake
    VERBATIM)
