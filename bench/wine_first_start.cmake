# The first Windows start on a new account (the launcher's own wine prefix is made) beside a
# plain wine start of the same program in a new prefix, and a second start of each.
if(TARGET qv_test_programs)
  add_executable(wine_first_start ${CMAKE_CURRENT_LIST_DIR}/wine_first_start.cpp)
  target_link_libraries(wine_first_start PRIVATE qv_platform qv_test_programs)
endif()
