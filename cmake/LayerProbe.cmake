# cmake -DCOMPILER=... -DFLAGS=<response file> -DDIR=<scratch folder>
#       -DMUST_COMPILE=<includes> -DMUST_FAIL=<includes> -P LayerProbe.cmake
#
# Compiles, with one layer's flags, a file that includes every header of MUST_COMPILE
# (it must compile: the probe itself works), then one file per header of MUST_FAIL, each
# of which must fail because the header is not on the layer's include path. Includes are
# written as they would be in the source: "ui/MainWindow.h" or <QWidget>.

function(compile name text out_result out_log)
  set(source ${DIR}/${name}.cpp)
  file(WRITE ${source} "${text}")
  execute_process(COMMAND ${COMPILER} @${FLAGS} -fsyntax-only ${source}
                  RESULT_VARIABLE result OUTPUT_VARIABLE log ERROR_VARIABLE log)
  set(${out_result} ${result} PARENT_SCOPE)
  set(${out_log} "${log}" PARENT_SCOPE)
endfunction()

set(text "")
foreach(include ${MUST_COMPILE})
  string(APPEND text "#include ${include}\n")
endforeach()
compile(allowed "${text}" result log)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "The headers this layer may use do not compile with its flags:\n${text}\n${log}")
endif()
message(STATUS "compiles: ${MUST_COMPILE}")

set(index 0)
foreach(include ${MUST_FAIL})
  math(EXPR index "${index} + 1")
  compile(forbidden-${index} "#include ${include}\n" result log)
  string(REGEX REPLACE "^[<\"](.*)[>\"]$" "\\1" path "${include}")
  string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" pattern "${path}")
  if(result EQUAL 0)
    message(FATAL_ERROR "#include ${include} compiles in this layer, which may not use it")
  elseif(NOT log MATCHES "${pattern}[:']? *(No such file or directory|file not found)")
    message(FATAL_ERROR "#include ${include} failed, but not for want of the file:\n${log}")
  endif()
  message(STATUS "refused: ${include}")
endforeach()
