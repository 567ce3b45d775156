# The data files programs find beside their executables: the preset background pictures (drawn
# at build time, tools/backgrounds) and the segmentation models, both under
# ${CMAKE_BINARY_DIR}/assets/. Each program's folder gets links to them rather than copies, so
# one build step fills every program's view.
set(TAMRO_ASSET_DIR ${CMAKE_BINARY_DIR}/assets)
file(MAKE_DIRECTORY ${TAMRO_ASSET_DIR}/backgrounds ${TAMRO_ASSET_DIR}/models)

# Links `backgrounds` and `models` beside `target`'s executable, and has the pictures drawn
# before the target is built.
function(tamro_use_assets target)
  get_target_property(folder ${target} RUNTIME_OUTPUT_DIRECTORY)
  if(NOT folder)
    get_target_property(folder ${target} BINARY_DIR)
  endif()
  file(MAKE_DIRECTORY ${folder})
  foreach(kind backgrounds models)
    file(CREATE_LINK ${TAMRO_ASSET_DIR}/${kind} ${folder}/${kind} SYMBOLIC)
  endforeach()
  add_dependencies(${target} tamro_backgrounds)
endfunction()
