# The translations of what the person at the desktop reads (po/).
#
#   kelvo_add_translations(<program>)
#       Every po/<ll>.po is checked and compiled at build time into
#       <build>/locale/<ll>/LC_MESSAGES/kelvo-upgrader.mo, where the Linux
#       program finds it beside itself (scripts/package installs the same
#       files under /usr/share/locale). The build fails when a catalog lacks
#       a translation of any text of po/kelvo-upgrader.pot, holds a fuzzy one,
#       or one whose printf directives differ from the English (msgcmp, then
#       msgfmt --check). On Windows the catalogs then become string tables
#       among the program's resources (cmake/catalogs_to_rc.py).

find_program(KELVO_MSGFMT msgfmt REQUIRED)  # Debian gettext
find_program(KELVO_MSGCMP msgcmp REQUIRED)

function(kelvo_add_translations program)
    set(po_dir "${PROJECT_SOURCE_DIR}/po")
    set(pot "${po_dir}/kelvo-upgrader.pot")
    file(GLOB po_files CONFIGURE_DEPENDS "${po_dir}/*.po")
    list(SORT po_files)
    set(catalogs)
    foreach(po ${po_files})
        get_filename_component(language "${po}" NAME_WE)
        set(folder "${CMAKE_BINARY_DIR}/locale/${language}/LC_MESSAGES")
        set(mo "${folder}/kelvo-upgrader.mo")
        add_custom_command(
            OUTPUT "${mo}"
            COMMAND "${CMAKE_COMMAND}" -E make_directory "${folder}"
            # Every English text has a translation, none of them fuzzy.
            COMMAND "${KELVO_MSGCMP}" "${po}" "${pot}"
            COMMAND "${KELVO_MSGFMT}" --check -o "${mo}" "${po}"
            DEPENDS "${po}" "${pot}"
            COMMENT "Checking and compiling the ${language} catalog"
            VERBATIM)
        list(APPEND catalogs "${mo}")
    endforeach()
    add_custom_target(${program}_catalogs ALL DEPENDS ${catalogs})
    add_dependencies(${program} ${program}_catalogs)

    if(WIN32)
        find_package(Python3 REQUIRED COMPONENTS Interpreter)
        set(rc "${CMAKE_BINARY_DIR}/resources/translations.rc")
        add_custom_command(
            OUTPUT "${rc}"
            # Its folder is the other resources' too; whichever step runs first makes it.
            COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/resources"
            COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/cmake/catalogs_to_rc.py" "${rc}" ${catalogs}
            DEPENDS ${catalogs} "${PROJECT_SOURCE_DIR}/cmake/catalogs_to_rc.py"
            COMMENT "Making the string tables of the translations"
            VERBATIM)
        target_sources(${program} PRIVATE "${rc}")
    endif()
endfunction()
