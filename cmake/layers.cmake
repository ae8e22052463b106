# Include trees that expose to each target only the folders it may use.
#
# kestrel_include_tree(TARGET FOLDER...) makes build/layers/TARGET/, links
# each FOLDER (relative to the source root, e.g. "model" or
# "tools/kestrel_check") into it under the same relative path, and adds the
# tree to TARGET's include path (PUBLIC for libraries, so that the layers
# above see it too).
function(kestrel_include_tree target)
  set(tree ${CMAKE_BINARY_DIR}/layers/${target})
  foreach(folder ${ARGN})
    get_filename_component(parent ${tree}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT EXISTS ${tree}/${folder})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${tree}/${folder} SYMBOLIC)
    endif()
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_include_directories(${target} PRIVATE ${tree})
  else()
    target_include_directories(${target} PUBLIC ${tree})
  endif()
endfunction()

# The include trees cannot see a path that climbs out of its folder
# ("../gateway/gateway.h") or starts at the root: such includes are refused
# here, at configure time, which every edit of a product file triggers.
function(kestrel_refuse_escaping_includes folder)
  file(GLOB files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp ${CMAKE_SOURCE_DIR}/${folder}/*.h
       ${CMAKE_SOURCE_DIR}/${folder}/*/*.cpp ${CMAKE_SOURCE_DIR}/${folder}/*/*.h)
  foreach(file ${files})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    file(STRINGS ${file} escaping REGEX "^[ \t]*#[ \t]*include[ \t]*\"[./]")
    if(escaping)
      message(FATAL_ERROR "${file}: an include outside the layers: ${escaping}")
    endif()
  endforeach()
endfunction()

# kestrel_layer(FOLDER [BELOW LIBRARY...] [EXCLUDE FILE...]) builds the
# product folder FOLDER into the static library kestrel_FOLDER, which sees
# FOLDER and the layers it links.
function(kestrel_layer folder)
  cmake_parse_arguments(layer "" "" "BELOW;EXCLUDE" ${ARGN})
  # A folder's subfolders (gateway/handlers, ...) are part of its library.
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp ${CMAKE_SOURCE_DIR}/${folder}/*/*.cpp)
  foreach(excluded ${layer_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_SOURCE_DIR}/${folder}/${excluded})
  endforeach()
  add_library(kestrel_${folder} STATIC ${sources})
  kestrel_include_tree(kestrel_${folder} ${folder})
  target_link_libraries(kestrel_${folder} PUBLIC ${layer_BELOW})
  kestrel_refuse_escaping_includes(${folder})
endfunction()
