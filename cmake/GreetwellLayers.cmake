# The desk's layers: one static library per folder of src/, each allowed to use only the
# layers below it. Declare them lowest first:
#
#   greetwell_layer(<name> [USES <lower layer>...] [QT <module>...] [LINKS <other>...])
#
# <name> is the folder (src/<name>) and the target greetwell_<name>. USES names lower
# layers, QT the Qt modules the layer may reach (Core is always allowed), LINKS anything
# else it links (QCoro, CUPS...). Three things keep the layers honest:
#
# - Include paths: a layer's headers are reachable only as "<name>/Header.h" through
#   build/layers/<name>/<name>, a link to src/<name>, and that folder travels only to the
#   targets that link the layer. A lower layer that includes a higher one's header does
#   not compile.
# - greetwell_check_layers(), at configure time: every link goes to a lower layer, the
#   Qt modules a layer reaches (through everything it links) are the ones it declared,
#   and no source reaches around its include path ("../", <QtWidgets/...>).
# - greetwell_layer_tests(): one ctest per layer (layers.<name>, label unit) compiles a
#   header of each layer it may use, which must work, and one header of every other layer
#   and of each Qt module it may not use, which must fail for want of the file.

set(GREETWELL_LAYERS "" CACHE INTERNAL "")
set(GW_LAYER_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/layers)

function(greetwell_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "USES;QT;LINKS")
  set(folder ${CMAKE_CURRENT_SOURCE_DIR}/${name})
  file(GLOB sources CONFIGURE_DEPENDS ${folder}/*.cpp ${folder}/*.h ${folder}/*.qrc)
  set(target greetwell_${name})
  add_library(${target} STATIC ${sources})

  # build/layers/<name>/<name> -> src/<name>: the one way to this layer's headers.
  file(MAKE_DIRECTORY ${GW_LAYER_INCLUDE_ROOT}/${name})
  file(CREATE_LINK ${folder} ${GW_LAYER_INCLUDE_ROOT}/${name}/${name} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${GW_LAYER_INCLUDE_ROOT}/${name})

  set(qt Core ${arg_QT})
  list(REMOVE_DUPLICATES qt)
  set(uses)
  foreach(lower ${arg_USES})
    list(APPEND uses greetwell_${lower})
  endforeach()
  list(TRANSFORM qt PREPEND Qt6:: OUTPUT_VARIABLE qt_targets)
  target_link_libraries(${target} PUBLIC ${uses} ${qt_targets} ${arg_LINKS})

  # What a layer may reach is what it declares plus what its lower layers may.
  set(allowed_layers ${name})
  set(allowed_qt ${qt})
  foreach(lower ${arg_USES})
    if(NOT lower IN_LIST GREETWELL_LAYERS)
      message(FATAL_ERROR "Layer ${name} uses ${lower}, which is not a layer declared before it")
    endif()
    list(APPEND allowed_layers ${GW_LAYER_${lower}_LAYERS})
    list(APPEND allowed_qt ${GW_LAYER_${lower}_QT})
  endforeach()
  list(REMOVE_DUPLICATES allowed_layers)
  list(REMOVE_DUPLICATES allowed_qt)
  set(GW_LAYER_${name}_LAYERS ${allowed_layers} CACHE INTERNAL "")
  set(GW_LAYER_${name}_QT ${allowed_qt} CACHE INTERNAL "")
  set(GW_LAYER_${name}_SOURCES ${sources} CACHE INTERNAL "")
  set(GREETWELL_LAYERS ${GREETWELL_LAYERS} ${name} CACHE INTERNAL "")
endfunction()

# The Qt modules `item` brings along: itself when it is one, and whatever it links.
function(gw_qt_closure item out)
  set(seen)
  set(pending ${item})
  set(modules)
  while(pending)
    list(POP_FRONT pending current)
    # $<LINK_ONLY:X> still links X; other generator expressions are not followed.
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" current "${current}")
    if(current MATCHES "^\\$<" OR current IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${current})
    if(current MATCHES "^Qt6::([A-Za-z]+)$" AND NOT CMAKE_MATCH_1 MATCHES "Private$|^Platform|^GlobalConfig$")
      list(APPEND modules ${CMAKE_MATCH_1})
    endif()
    if(TARGET ${current})
      get_target_property(aliased ${current} ALIASED_TARGET)
      if(aliased)
        list(APPEND pending ${aliased})
      endif()
      get_target_property(links ${current} INTERFACE_LINK_LIBRARIES)
      if(links)
        list(APPEND pending ${links})
      endif()
    endif()
  endwhile()
  list(REMOVE_DUPLICATES modules)
  set(${out} ${modules} PARENT_SCOPE)
endfunction()

function(greetwell_check_layers)
  set(rank 0)
  foreach(name ${GREETWELL_LAYERS})
    set(rank_${name} ${rank})
    math(EXPR rank "${rank} + 1")
  endforeach()
  foreach(name ${GREETWELL_LAYERS})
    set(target greetwell_${name})
    get_target_property(links ${target} LINK_LIBRARIES)
    if(NOT links)
      set(links)
    endif()
    foreach(link ${links})
      # Links only go down.
      if(link MATCHES "^greetwell_(.+)$" AND CMAKE_MATCH_1 IN_LIST GREETWELL_LAYERS)
        set(other ${CMAKE_MATCH_1})
        if(NOT rank_${other} LESS rank_${name})
          message(FATAL_ERROR "${target} links ${link}, which is not below it: a layer may use "
                              "only the layers declared before it")
        endif()
        continue()
      endif()
      # Nor do they reach a Qt module the layer did not declare (Qt6::PrintSupport would
      # bring Widgets along).
      gw_qt_closure(${link} modules)
      foreach(module ${modules})
        if(NOT module IN_LIST GW_LAYER_${name}_QT)
          message(FATAL_ERROR "${target} links ${link}, which brings Qt6::${module}; the "
                              "${name} layer may use Qt ${GW_LAYER_${name}_QT} only")
        endif()
      endforeach()
    endforeach()
    # No way around the include path: no "../" and no <QtModule/Header> of another module.
    foreach(source ${GW_LAYER_${name}_SOURCES})
      if(NOT source MATCHES "\\.(cpp|h)$")
        continue()
      endif()
      file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
      foreach(line ${includes})
        if(line MATCHES "[<\"][^>\"]*\\.\\./")
          message(FATAL_ERROR "${source}: \"${line}\" reaches out of its folder; include "
                              "\"<layer>/Header.h\" instead")
        endif()
        if(line MATCHES "<Qt([A-Za-z]+)/" AND NOT CMAKE_MATCH_1 IN_LIST GW_LAYER_${name}_QT)
          message(FATAL_ERROR "${source}: \"${line}\": the ${name} layer may use Qt "
                              "${GW_LAYER_${name}_QT} only")
        endif()
      endforeach()
    endforeach()
  endforeach()
endfunction()

# A header of every folder (the first by name), for the probes below.
function(gw_first_header folder out)
  file(GLOB headers RELATIVE ${folder} ${folder}/*.h)
  list(SORT headers)
  list(GET headers 0 first)
  set(${out} ${first} PARENT_SCOPE)
endfunction()

# `others`: folders below src/ that are not layers but no layer may include (the app).
# `qt_probes`: one header per Qt module, to prove a layer cannot reach undeclared ones.
function(greetwell_layer_tests)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "OTHERS;QT_PROBES")
  set(probes ${CMAKE_BINARY_DIR}/layer-probes)
  foreach(folder ${GREETWELL_LAYERS} ${arg_OTHERS})
    gw_first_header(${CMAKE_CURRENT_SOURCE_DIR}/${folder} header)
    set(header_${folder} ${folder}/${header})
  endforeach()
  foreach(name ${GREETWELL_LAYERS})
    set(target greetwell_${name})
    set(dir ${probes}/${name})
    file(MAKE_DIRECTORY ${dir})
    # The layer's own compile flags, usage requirements of what it links included.
    set(includes "$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>")
    set(defines "$<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>")
    set(options "$<TARGET_PROPERTY:${target},COMPILE_OPTIONS>")
    file(GENERATE OUTPUT ${dir}/flags.rsp CONTENT
      "$<$<BOOL:${includes}>:-I$<JOIN:${includes},\n-I>>\n$<$<BOOL:${defines}>:-D$<JOIN:${defines},\n-D>>\n$<JOIN:${options},\n>\n-std=c++20\n-fPIC\n")
    set(must_compile)
    set(must_fail)
    foreach(folder ${GREETWELL_LAYERS} ${arg_OTHERS})
      if(folder IN_LIST GW_LAYER_${name}_LAYERS)
        list(APPEND must_compile "\"${header_${folder}}\"")
      else()
        list(APPEND must_fail "\"${header_${folder}}\"")
      endif()
    endforeach()
    foreach(probe ${arg_QT_PROBES})
      string(REPLACE "=" ";" probe ${probe})
      list(GET probe 0 module)
      list(GET probe 1 header)
      if(NOT module IN_LIST GW_LAYER_${name}_QT)
        list(APPEND must_fail "<${header}>")
      endif()
    endforeach()
    add_test(NAME layers.${name}
      COMMAND ${CMAKE_COMMAND} -DCOMPILER=${CMAKE_CXX_COMPILER} -DFLAGS=${dir}/flags.rsp
              -DDIR=${dir} "-DMUST_COMPILE=${must_compile}" "-DMUST_FAIL=${must_fail}"
              -P ${PROJECT_SOURCE_DIR}/cmake/LayerProbe.cmake)
    set_tests_properties(layers.${name} PROPERTIES LABELS unit TIMEOUT 120)
  endforeach()
endfunction()
