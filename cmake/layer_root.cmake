# vr_layer_root(VAR name [layer...]): an include root in the build tree that
# holds links to src/<name> and to the given layers' folders only, so that an
# include of any other layer's header does not compile. VAR gets its path.
get_filename_component(VR_SOURCE_TREE ${CMAKE_CURRENT_LIST_DIR}/../src ABSOLUTE)
function(vr_layer_root out name)
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  file(MAKE_DIRECTORY ${root})
  foreach(dir IN ITEMS ${name} ${ARGN})
    if(NOT EXISTS ${root}/${dir})
      file(CREATE_LINK ${VR_SOURCE_TREE}/${dir} ${root}/${dir} SYMBOLIC)
    endif()
  endforeach()
  set(${out} ${root} PARENT_SCOPE)
endfunction()
