# cmake -DMAKE_ART=... -DOUT=... -DRES=... [-DCOMPARE=ImageMagick's compare] -P compare_art.cmake
#
# The indexed pictures must match byte for byte. The anti-aliased ARGB icons may differ by one
# level of a channel where Qt's raster engine takes another vector path on another processor
# (an AVX-512 machine rounds a few edge pixels the other way); anything more is a real change.
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")
execute_process(COMMAND "${MAKE_ART}" "${OUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make_art failed: ${rc}")
endif()
file(GLOB drawn RELATIVE "${OUT}" "${OUT}/*")
if(NOT drawn)
  message(FATAL_ERROR "make_art wrote nothing into ${OUT}")
endif()
set(stale)
foreach(name IN LISTS drawn)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${OUT}/${name}" "${RES}/${name}" RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0 AND COMPARE AND name MATCHES "\\.png$")
    execute_process(COMMAND "${COMPARE}" -metric PAE "${OUT}/${name}" "${RES}/${name}" null:
                    ERROR_VARIABLE metric RESULT_VARIABLE rc)
    # "171.333 (0.00261438)": the largest difference of one channel, and as a share of full scale.
    if(rc LESS 2 AND metric MATCHES "\\(([0-9.e-]+)\\)")
      set(share "${CMAKE_MATCH_1}")
      if(share LESS_EQUAL 0.004)
        set(differs 0)
        message(STATUS "${name}: within one level of its committed copy (${share})")
      endif()
    endif()
  endif()
  if(NOT differs EQUAL 0)
    list(APPEND stale ${name})
  endif()
endforeach()
if(stale)
  message(FATAL_ERROR "res/ differs from what make_art draws: ${stale} (cmake --build . --target art)")
endif()
message(STATUS "res/ matches make_art: ${drawn}")
