# The drop window widget, the tray frame and the settings dialog: the Qt half of src/ui.
set(CMAKE_AUTOMOC ON)
find_package(Qt6 REQUIRED COMPONENTS DBus)
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZINGWELL_XCB REQUIRED IMPORTED_TARGET xcb)

add_library(zingwell_ui STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ArrivalBatches.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Artwork.cpp
    ${CMAKE_CURRENT_LIST_DIR}/BarkPlayer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CDropWindow.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CommandMenu.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ConfigDialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DesktopNotifier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DialogFont.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DialogUnits.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DialogWindow.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DogPlacement.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MainFrame.cpp
    ${CMAKE_CURRENT_LIST_DIR}/NotificationThrottle.cpp
    ${CMAKE_CURRENT_LIST_DIR}/QtLauncher.cpp
    ${CMAKE_CURRENT_LIST_DIR}/X11Desktop.cpp)
target_link_libraries(zingwell_ui PUBLIC zingwell_heart Qt6::Widgets Qt6::Multimedia Qt6::Svg
    Qt6::DBus PRIVATE PkgConfig::ZINGWELL_XCB)
target_compile_definitions(zingwell_ui PRIVATE
    ZINGWELL_DATA_DIR="${CMAKE_INSTALL_PREFIX}/share/zingwell"
    ZINGWELL_SOURCE_BARK="${PROJECT_SOURCE_DIR}/resources/bark.wav")

set(ZINGWELL_ART_FILES)
foreach(art dog.svg icon-146.svg icon-150.svg icon-151.svg icon-152.svg zingwell.svg)
    list(APPEND ZINGWELL_ART_FILES ${PROJECT_SOURCE_DIR}/resources/${art})
endforeach()
qt_add_resources(zingwell_ui artwork
    PREFIX /zingwell
    BASE ${PROJECT_SOURCE_DIR}/resources
    FILES ${ZINGWELL_ART_FILES})
