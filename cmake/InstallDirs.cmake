# Where an installation puts Zingwell's files (GNU layout). The documents go under the package's
# own lower-case name, where Debian and `man`'s SEE ALSO look for them; a folder given on the
# command line (-DCMAKE_INSTALL_DOCDIR=...) is kept.
if(NOT CMAKE_INSTALL_DOCDIR)
    set(CMAKE_INSTALL_DOCDIR share/doc/zingwell CACHE PATH "Documentation root (DOCDIR)" FORCE)
endif()
include(GNUInstallDirs)
