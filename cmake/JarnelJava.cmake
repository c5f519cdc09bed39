# Java side of the build: the JDK's JNI headers, one javac step for every Java source of the
# project, and CTest entries that run a package's JUnit 5 tests on the real JVM.

if(DEFINED ENV{JAVA_HOME} AND EXISTS "$ENV{JAVA_HOME}/include/jni.h")
  set(JARNEL_JAVA_HOME "$ENV{JAVA_HOME}")
else()
  set(JARNEL_JAVA_HOME /usr/lib/jvm/default-java)
endif()
if(NOT EXISTS "${JARNEL_JAVA_HOME}/include/jni.h")
  message(FATAL_ERROR "No JDK with jni.h at ${JARNEL_JAVA_HOME}: install default-jdk-headless or set JAVA_HOME")
endif()
set(JNI_INCLUDE_DIRS "${JARNEL_JAVA_HOME}/include" "${JARNEL_JAVA_HOME}/include/linux")
set(JARNEL_JAVA "${JARNEL_JAVA_HOME}/bin/java")
set(JARNEL_JAVAC "${JARNEL_JAVA_HOME}/bin/javac")
set(JARNEL_JAR "${JARNEL_JAVA_HOME}/bin/jar")
set(JARNEL_JUNIT_CONSOLE /usr/share/java/junit-platform-console-standalone.jar)
# Libraries the Java tests may use beside JUnit (BouncyCastle for interop checks).
set(JARNEL_JAVA_TEST_CLASSPATH
  /usr/share/java/junit-platform-console-standalone.jar
  /usr/share/java/bcprov.jar /usr/share/java/bcpkix.jar /usr/share/java/bcutil.jar)
set(JARNEL_LIB_DIR "${CMAKE_BINARY_DIR}/lib")
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY "${JARNEL_LIB_DIR}")

# Compiles java/src (the shipped classes) and java/test (tests and demo) into two folders.
function(jarnel_java_build)
  file(GLOB_RECURSE main_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/java/src/*.java)
  file(GLOB_RECURSE test_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/java/test/*.java)
  if(NOT main_sources)
    # javac needs at least one source; an empty package-info keeps the step uniform.
    set(main_sources ${CMAKE_SOURCE_DIR}/java/src/ru/halvorit/package-info.java)
  endif()
  set(main_out ${CMAKE_BINARY_DIR}/java/classes)
  set(test_out ${CMAKE_BINARY_DIR}/java/test-classes)
  string(JOIN ":" cp ${JARNEL_JAVA_TEST_CLASSPATH})
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/java/main.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${main_out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${main_out}
    COMMAND ${JARNEL_JAVAC} -Xlint:all -Werror -encoding UTF-8 --release 17 -d ${main_out} ${main_sources}
    COMMAND ${JARNEL_JAR} cf ${CMAKE_BINARY_DIR}/java/jarnel.jar -C ${main_out} .
    COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/java/main.stamp
    DEPENDS ${main_sources} COMMENT "javac: shipped classes" VERBATIM)
  if(NOT test_sources)
    add_custom_target(java_classes ALL DEPENDS ${CMAKE_BINARY_DIR}/java/main.stamp)
    return()
  endif()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/java/test.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${test_out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${test_out}
    COMMAND ${JARNEL_JAVAC} -encoding UTF-8 --release 17 -cp ${main_out}:${cp} -d ${test_out} ${test_sources}
    COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/java/test.stamp
    DEPENDS ${test_sources} ${CMAKE_BINARY_DIR}/java/main.stamp COMMENT "javac: tests and demo" VERBATIM)
  add_custom_target(java_classes ALL DEPENDS ${CMAKE_BINARY_DIR}/java/main.stamp ${CMAKE_BINARY_DIR}/java/test.stamp)
endfunction()

# Environment under which the JVM may load the project's native libraries. Under the sanitizer
# preset the ASan runtime must come first in the process, and the JVM's own SIGSEGV use must be
# left alone. The C++ runtime is preloaded right after it: ASan finds the functions it wraps
# (__cxa_throw among them) when it starts, and the JVM itself does not load libstdc++, so a
# C++ exception in a native library would otherwise stop the process.
function(jarnel_java_env out)
  set(env "JARNEL_LIBRARY_PATH=${JARNEL_LIB_DIR}")
  if(JARNEL_SANITIZE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
      OUTPUT_VARIABLE asan OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++.so.6
      OUTPUT_VARIABLE cxxrt OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND env "LD_PRELOAD=${asan}:${cxxrt}"
      "ASAN_OPTIONS=detect_leaks=0:handle_segv=0:allow_user_segv_handler=1:use_sigaltstack=0:detect_stack_use_after_return=0")
  endif()
  set(${out} "${env}" PARENT_SCOPE)
endfunction()

# jarnel_add_java_test(NAME name PACKAGE java.package [LABELS ...] [DEPENDS targets...]
#                      [ENV VAR=value...] [LIBRARY_PATH folders...])
# Runs every JUnit test class in PACKAGE with -Xcheck:jni; a JNI warning fails the test. ENV
# adds variables; LIBRARY_PATH adds folders after the library folder in JARNEL_LIBRARY_PATH
# (vendor library simulators).
function(jarnel_add_java_test)
  cmake_parse_arguments(A "" "NAME;PACKAGE" "LABELS;DEPENDS;ENV;LIBRARY_PATH" ${ARGN})
  string(JOIN ":" cp ${CMAKE_BINARY_DIR}/java/classes ${CMAKE_BINARY_DIR}/java/test-classes ${JARNEL_JAVA_TEST_CLASSPATH})
  add_test(NAME ${A_NAME}
    COMMAND ${JARNEL_JAVA} -Xcheck:jni -Djava.library.path=${JARNEL_LIB_DIR}
      -jar ${JARNEL_JUNIT_CONSOLE} --disable-banner --disable-ansi-colors --details=tree --fail-if-no-tests
      --class-path ${cp} --select-package ${A_PACKAGE})
  jarnel_java_env(env)
  if(A_LIBRARY_PATH)
    string(JOIN ":" extra ${A_LIBRARY_PATH})
    string(REPLACE "JARNEL_LIBRARY_PATH=${JARNEL_LIB_DIR}" "JARNEL_LIBRARY_PATH=${JARNEL_LIB_DIR}:${extra}" env "${env}")
  endif()
  list(APPEND env ${A_ENV})
  set_tests_properties(${A_NAME} PROPERTIES
    LABELS "java;${A_LABELS}"
    ENVIRONMENT "${env}"
    FAIL_REGULAR_EXPRESSION "WARNING in native method|FATAL ERROR in native method")
endfunction()
