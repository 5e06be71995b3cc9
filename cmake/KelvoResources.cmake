# The Windows program's resources, made at build time (cmake -P):
#
#   cmake -DSOURCE_DIR=<repository> -DOUTPUT_DIR=<folder> -DRSVG_CONVERT=<path>
#         -DICOTOOL=<path> -P cmake/KelvoResources.cmake
#
# writes into OUTPUT_DIR:
#   kelvo-upgrader.ico     the icon, drawn from packaging/icons/kelvo-upgrader.svg
#                          at 16 to 64 pixels (bitmaps) and 256 (PNG)
#   KelvoUpgrader.manifest and KelvoUpgrader.rc, from their templates in
#                          packaging/windows/, with the version and the title
#
# The version and the title are read from the lines of the program's source
# that define UpgraderVersion and AppTitle (the same line scripts/package
# reads), so the resources always say what the program logs and reports.
# Files whose text is unchanged are left untouched.

cmake_minimum_required(VERSION 3.25)

foreach(var SOURCE_DIR OUTPUT_DIR RSVG_CONVERT ICOTOOL)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "KelvoResources.cmake: ${var} is not set")
    endif()
endforeach()

function(read_constant out file regex)
    file(STRINGS "${SOURCE_DIR}/${file}" line REGEX "${regex}")
    if(NOT line MATCHES "${regex}")
        message(FATAL_ERROR "KelvoResources.cmake: no line matching [${regex}] in ${file}")
    endif()
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

read_constant(VERSION src/script/report.cc
    "^const char UpgraderVersion\\[\\] = \"KelvoUpgrader ([0-9]+\\.[0-9]+\\.[0-9]+)\"")
read_constant(APP_TITLE src/app/startup.cc "^const char AppTitle\\[\\] = \"([^\"\\\\]+)\"")
string(REPLACE "." "," VERSION_COMMAS "${VERSION},0")

# The icon: one PNG per size, then the .ico. Smaller sizes are kept as
# bitmaps, which every version of Windows reads; 256 as PNG, as Windows
# stores its large icons.
set(svg "${SOURCE_DIR}/packaging/icons/kelvo-upgrader.svg")
set(work "${OUTPUT_DIR}/icon-sizes")
file(MAKE_DIRECTORY "${work}")
set(pngs)
foreach(size 16 24 32 48 64 256)
    execute_process(COMMAND "${RSVG_CONVERT}" -w ${size} -h ${size} -o "${work}/${size}.png" "${svg}"
        RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "rsvg-convert could not draw ${svg} at ${size} pixels: ${status}")
    endif()
    if(size EQUAL 256)
        list(APPEND pngs "--raw=${work}/${size}.png")
    else()
        list(APPEND pngs "${work}/${size}.png")
    endif()
endforeach()
set(ICON_FILE "${OUTPUT_DIR}/kelvo-upgrader.ico")
execute_process(COMMAND "${ICOTOOL}" -c -o "${ICON_FILE}.new" ${pngs} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "icotool could not make ${ICON_FILE}: ${status}")
endif()
file(COPY_FILE "${ICON_FILE}.new" "${ICON_FILE}" ONLY_IF_DIFFERENT)
file(REMOVE "${ICON_FILE}.new")

set(MANIFEST_FILE "${OUTPUT_DIR}/KelvoUpgrader.manifest")
configure_file("${SOURCE_DIR}/packaging/windows/KelvoUpgrader.manifest.in" "${MANIFEST_FILE}" @ONLY)
configure_file("${SOURCE_DIR}/packaging/windows/KelvoUpgrader.rc.in" "${OUTPUT_DIR}/KelvoUpgrader.rc" @ONLY)
# The build's mark that this ran: newer than everything it was made from.
file(TOUCH "${OUTPUT_DIR}/KelvoUpgrader.rc")
