# One version for everything built here. project(VERSION) is the tool's
# version text: the window title, the start log line, request field 2 of every
# exchange, --version and the package versions. The sources take it from the
# generated VuVersion.h (target vu_version), never from a literal of their own.
#
# The Windows version resource (file and product version, and the manifest's
# assembly version) is a separate number: the program has always carried
# 1.0.0.1 there while its own version text changed, and users and support see
# it in the file's properties, so it stays as the program has it. It is set
# here, once, for the resource and the manifest alike.
set(VU_FILE_VERSION 1.0.0.1)

string(REPLACE "." "," VU_FILE_VERSION_NUMBERS "${VU_FILE_VERSION}")
set(vu_generated ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/VuVersion.h.in ${vu_generated}/VuVersion.h @ONLY)
add_library(vu_version INTERFACE)
target_include_directories(vu_version INTERFACE ${vu_generated})
