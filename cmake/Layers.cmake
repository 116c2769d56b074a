# The core's layers, one static library per folder. A layer sees its own
# headers and those of the layers it links, and nothing else: each folder's
# headers are reached through a folder of their own in the build tree, so an
# include against the direction does not compile.
#
#   lvcore_patch -> lvcore_fileset -> lvcore_state -> lvcore_platform -> lvcore_base
#
# Links between layers are PRIVATE: a layer names every lower one it uses.
function(lv_core_layer target folder)
  add_library(${target} STATIC ${ARGN})
  set(headers ${PROJECT_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${headers})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${headers}/${folder} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${headers})
endfunction()
