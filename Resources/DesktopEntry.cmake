# Writes the desktop's menu entry of an installed copy: share/applications/zarvo-recorder.desktop
# under the install prefix, its Exec and TryExec naming that copy's bin/zarvo-recorder.
# Run by `cmake --install` (which sets CMAKE_INSTALL_PREFIX to the --prefix given), or alone:
#   cmake -DCMAKE_INSTALL_PREFIX=FOLDER -DZARVO_DESKTOP_TEMPLATE=.../zarvo-recorder.desktop.in \
#         -P DesktopEntry.cmake
if(NOT ZARVO_DESKTOP_TEMPLATE)
    set(ZARVO_DESKTOP_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/zarvo-recorder.desktop.in")
endif()
cmake_path(SET program NORMALIZE "${CMAKE_INSTALL_PREFIX}/bin/zarvo-recorder")

# The entry's values are strings in which a backslash is written twice.
function(desktop_string text out)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\n" "\\n" text "${text}")
    string(REPLACE "\t" "\\t" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Exec is a command line: a path with a space or another reserved character is quoted, with
# ", `, $ and \ escaped inside the quotes; a percent sign is doubled (it starts a field code).
set(command "${program}")
if(command MATCHES "[^A-Za-z0-9_./+@,=:-]")
    string(REPLACE "\\" "\\\\" command "${command}")
    string(REPLACE "\"" "\\\"" command "${command}")
    string(REPLACE "`" "\\`" command "${command}")
    string(REPLACE "$" "\\$" command "${command}")
    set(command "\"${command}\"")
endif()
string(REPLACE "%" "%%" command "${command}")
desktop_string("${command}" ZARVO_DESKTOP_EXEC)
desktop_string("${program}" ZARVO_DESKTOP_TRYEXEC)

set(entry "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/applications/zarvo-recorder.desktop")
message(STATUS "Installing: ${entry}")
configure_file("${ZARVO_DESKTOP_TEMPLATE}" "${entry}" @ONLY)
