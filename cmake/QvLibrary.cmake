# Each library sees its own headers and those of the libraries it links, nothing more: its
# include root holds one link, named after its folder, to that folder. "net/FtpClient.h" is
# then found only through qv_net's root, which only qv_net and the libraries linking it get,
# so an include against the direction of use fails to compile.
set(QV_INCLUDE_ROOTS ${PROJECT_BINARY_DIR}/include-roots)

# The include root of the library in src/<folder>, for a target that compiles its sources.
function(qv_include_root folder out)
  set(root ${QV_INCLUDE_ROOTS}/${folder})
  if(NOT EXISTS ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# qv_library(name deps...): a static library of every source in the calling folder.
# A folder that holds only headers so far becomes an interface library, so the tree
# configures while its pieces are being written.
function(qv_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  qv_include_root(${folder} root)
  if(sources)
    add_library(${name} STATIC ${sources} ${headers})
    target_include_directories(${name} PUBLIC ${root})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${root})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()
