# Helpers shared by the top-level CMakeLists.txt and the CMakeLists.txt files
# under tools/, bench/, fuzz/ and (optionally) tests/<name>/.
#
#   kelvo_wine_path(<out-var> <unix-path>)
#       On the Windows build: the path as a Windows program under wine opens it
#       (Z: drive form, "Z:\work\main\..."). Elsewhere: the path unchanged.
#
#   kelvo_add_test_env(<NAME> <value> [PATH])
#       Adds NAME=value to the environment of every test registered afterwards.
#       PATH converts the value with kelvo_wine_path first.
#
#   kelvo_add_test_libraries(<target>...)
#       Links the targets into every test executable created afterwards
#       (for example a loopback server library from tools/).
#
#   kelvo_add_gtest(<name> SOURCES <file>... [LIBRARIES <lib>...]
#                   [PROPERTIES <prop> <value>...] [PID_NAMESPACE])
#       One GoogleTest executable <name> made of the sources, the test support
#       library, kelvo_core and gtest (plus gtest_main, unless
#       tests/support/test_main.cc supplies main). On Linux every test case
#       becomes a ctest test (gtest_discover_tests, names "<name>.<Suite>.<Case>");
#       on the cross build the executable is one ctest test run under wine.
#       PROPERTIES are ctest test properties given to all of its tests
#       (RESOURCE_LOCK, RUN_SERIAL, TIMEOUT, LABELS ...).
#       PID_NAMESPACE: on Linux each test case runs in a PID namespace of its
#       own (tests/support/in_pid_namespace.sh), for programs whose tests
#       search for copies of the program and end them.
#
#   kelvo_add_fuzzer(<name> SOURCES <file>... [LIBRARIES <lib>...])
#       A libFuzzer executable linked with kelvo_core (fuzz preset only).
#       Any executable defined under fuzz/<x>/ counts as a fuzzer: the top
#       CMakeLists.txt gives each a ctest smoke run and lists it for
#       scripts/test; seeds may be kept in fuzz/<x>/corpus/.

include_guard(GLOBAL)

function(kelvo_wine_path out path)
    if(CMAKE_CROSSCOMPILING AND WIN32)
        string(REPLACE "/" "\\" path "${path}")
        set(path "Z:${path}")
    endif()
    set(${out} "${path}" PARENT_SCOPE)
endfunction()

function(kelvo_add_test_env name value)
    if(ARGN STREQUAL "PATH")
        kelvo_wine_path(value "${value}")
    elseif(ARGN)
        message(FATAL_ERROR "kelvo_add_test_env: unexpected arguments: ${ARGN}")
    endif()
    set_property(GLOBAL APPEND PROPERTY KELVO_TEST_ENVIRONMENT "${name}=${value}")
endfunction()

function(kelvo_add_test_libraries)
    set_property(GLOBAL APPEND PROPERTY KELVO_TEST_LIBRARIES ${ARGN})
endfunction()

# CMake list -> bracket-quoted CMake source text, safe for any characters.
function(_kelvo_quote out value)
    set(eq "=")
    while(value MATCHES "]${eq}]")
        string(APPEND eq "=")
    endwhile()
    set(${out} "[${eq}[${value}]${eq}]" PARENT_SCOPE)
endfunction()

function(kelvo_add_gtest name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "PID_NAMESPACE" "" "SOURCES;LIBRARIES;PROPERTIES")
    if(NOT arg_SOURCES)
        message(FATAL_ERROR "kelvo_add_gtest(${name}): no SOURCES")
    endif()
    add_executable(${name} ${arg_SOURCES})
    # Test headers are included as "support/...", from tests/.
    target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
    get_property(extra_libs GLOBAL PROPERTY KELVO_TEST_LIBRARIES)
    if(TARGET kelvo_test_support)
        target_link_libraries(${name} PRIVATE kelvo_test_support)
    endif()
    target_link_libraries(${name} PRIVATE ${arg_LIBRARIES} ${extra_libs} kelvo_core GTest::gtest)
    if(TARGET kelvo_test_main)
        target_link_libraries(${name} PRIVATE kelvo_test_main)
    else()
        target_link_libraries(${name} PRIVATE GTest::gtest_main)
    endif()
    # Tests run the program itself (KELVO_BINARY), so it must be there first.
    add_dependencies(${name} KelvoUpgrader)

    get_property(env GLOBAL PROPERTY KELVO_TEST_ENVIRONMENT)
    list(LENGTH arg_PROPERTIES n)
    math(EXPR odd "${n} % 2")
    if(odd)
        message(FATAL_ERROR "kelvo_add_gtest(${name}): PROPERTIES needs name/value pairs")
    endif()

    if(CMAKE_CROSSCOMPILING)
        # One ctest test per executable: every test case under wine would pay a
        # wine start-up each. ctest prepends CMAKE_CROSSCOMPILING_EMULATOR.
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES TIMEOUT 1200 ${arg_PROPERTIES})
        if(env)
            set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
        endif()
    else()
        if(arg_PID_NAMESPACE)
            # gtest_discover_tests runs the listing and every case through it.
            set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
                "${PROJECT_SOURCE_DIR}/tests/support/in_pid_namespace.sh")
        endif()
        include(GoogleTest)
        gtest_discover_tests(${name}
            TEST_PREFIX "${name}."
            DISCOVERY_TIMEOUT 120
            TEST_LIST ${name}_TESTS)
        # gtest_discover_tests flattens list-valued PROPERTIES (ENVIRONMENT with
        # more than one entry), so the properties are applied by a ctest script
        # of our own, included after the one that adds the discovered tests.
        set(pairs)
        if(env)
            _kelvo_quote(value "${env}")
            string(APPEND pairs "\n    ENVIRONMENT ${value}")
        endif()
        if(n GREATER 0)
            math(EXPR last "${n} - 1")
            foreach(i RANGE 0 ${last} 2)
                math(EXPR j "${i} + 1")
                list(GET arg_PROPERTIES ${i} key)
                list(GET arg_PROPERTIES ${j} value)
                _kelvo_quote(value "${value}")
                string(APPEND pairs "\n    ${key} ${value}")
            endforeach()
        endif()
        set(file "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
        if(pairs)
            file(WRITE "${file}"
                "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES${pairs})\nendif()\n")
            set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${file}")
        endif()
    endif()
endfunction()

function(kelvo_add_fuzzer name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES")
    if(NOT arg_SOURCES)
        message(FATAL_ERROR "kelvo_add_fuzzer(${name}): no SOURCES")
    endif()
    add_executable(${name} ${arg_SOURCES})
    target_link_libraries(${name} PRIVATE ${arg_LIBRARIES} kelvo_core)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
