# zingwell_layer(<folder> [EXCLUDE <file>...] [LINKS <target>...])
# Makes the static library zingwell_<folder> from src/<folder>/*.cpp, linking only LINKS: the
# layers below it. Its headers, "<folder>/X.h", are seen only by the library itself and by the
# targets that link it: the folder is reachable through a view folder of its own in the build
# tree, passed on with the library, and there is no include path to src as a whole. So the
# include graph is the link graph, and an include from a layer not below fails to compile.
function(zingwell_layer folder)
    cmake_parse_arguments(PARSE_ARGV 1 layer "" "" "EXCLUDE;LINKS")
    set(name zingwell_${folder})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    foreach(file ${layer_EXCLUDE})
        list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${file})
    endforeach()
    add_library(${name} STATIC ${sources})

    set(view ${PROJECT_BINARY_DIR}/layers/${folder})
    file(MAKE_DIRECTORY ${view})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${view}/${folder} SYMBOLIC)
    target_include_directories(${name} PUBLIC ${view})
    target_link_libraries(${name} PUBLIC ${layer_LINKS})
endfunction()
