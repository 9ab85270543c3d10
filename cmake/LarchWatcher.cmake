# Shared helpers: warning flags for our own targets and test registration.

function(lw_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(LW_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
    # GCC 12 reports impossible overlaps in std::string concatenation at -O3 (its bug 105651).
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -Wno-error=restrict)
    endif()
  endif()
endfunction()

# lw_include_root(target scope): the current folder's headers become reachable as
# "<folder>/X.h" through an include root of the build tree that holds this folder alone.
function(lw_include_root target scope)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(root ${PROJECT_BINARY_DIR}/include/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  target_include_directories(${target} ${scope} ${root})
endfunction()

# lw_layer(name PUBLIC_LIBS ... PRIVATE_LIBS ...): one layer, a static library built from every
# source in its folder, with the alias LarchWatcher::<Folder>. Its headers are included as
# "<folder>/X.h" through its own include root, so a layer sees its own headers and those of the
# layers it links, and an include of a higher layer does not compile.
function(lw_layer name)
  cmake_parse_arguments(LW "" "" "PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_library(${name} STATIC ${sources})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX)
  lw_include_root(${name} PUBLIC)
  target_link_libraries(${name} PUBLIC ${LW_PUBLIC_LIBS} PRIVATE ${LW_PRIVATE_LIBS})
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  string(SUBSTRING ${folder} 0 1 first)
  string(SUBSTRING ${folder} 1 -1 rest)
  string(TOUPPER ${first} first)
  add_library(LarchWatcher::${first}${rest} ALIAS ${name})
  lw_warnings(${name})
endfunction()

# lw_add_test(NAME name SOURCES ... LIBS ...): one GoogleTest binary registered with ctest.
function(lw_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} lw_test_support GTest::gtest GTest::gmock)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${T_NAME} PRIVATE
    TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data"
    MAIL_SAMPLES_DIR="${LW_MAIL_SAMPLES_DIR}"
    LW_BUILD_DIR="${PROJECT_BINARY_DIR}"
    LW_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  lw_warnings(${T_NAME})
  gtest_discover_tests(${T_NAME}
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LANG=C.UTF-8" LABELS "${T_LABELS}"
    DISCOVERY_TIMEOUT 60)
endfunction()

# lw_layer_tests(layer LIBS ...): every *_test.cpp in the folder becomes its own test binary.
function(lw_layer_tests layer)
  cmake_parse_arguments(L "" "" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(base ${src} NAME_WE)
    lw_add_test(NAME ${layer}_${base} SOURCES ${src} LIBS ${L_LIBS} LABELS ${layer})
  endforeach()
endfunction()
