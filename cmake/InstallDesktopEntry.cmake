# Run by `cmake --install` (see Install.cmake): writes the menu entry for the program installed
# at ZINGWELL_PROGRAM into ZINGWELL_ENTRY (both without DESTDIR), from ZINGWELL_ENTRY_TEMPLATE.

# Exec: quoted when the path holds anything but plain characters, with the characters the
# desktop entry format reserves inside quotes escaped, then the string's own backslashes
# doubled; a literal percent sign is written twice.
set(exec "${ZINGWELL_PROGRAM}")
if(exec MATCHES "[^A-Za-z0-9/._+-]")
    string(REPLACE "\\" "\\\\" exec "${exec}")
    string(REGEX REPLACE "([\"`$])" "\\\\\\1" exec "${exec}")
    set(exec "\"${exec}\"")
endif()
string(REPLACE "\\" "\\\\" exec "${exec}")
string(REPLACE "%" "%%" exec "${exec}")
# TryExec is a plain string: only its backslashes are escaped.
string(REPLACE "\\" "\\\\" ZINGWELL_TRYEXEC "${ZINGWELL_PROGRAM}")
set(ZINGWELL_EXEC "${exec}")

message(STATUS "Installing: $ENV{DESTDIR}${ZINGWELL_ENTRY}")
configure_file("${ZINGWELL_ENTRY_TEMPLATE}" "$ENV{DESTDIR}${ZINGWELL_ENTRY}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${ZINGWELL_ENTRY}")
