# OK to the main window with and without the upgrade report, against the throwaway cluster.
if(TARGET qv_test_pg)
  add_executable(signin_report ${CMAKE_CURRENT_LIST_DIR}/signin_report.cpp)
  target_link_libraries(signin_report PRIVATE qv_launcher qv_test_pg qv_test_dialogs
    qv_test_programs)
  target_include_directories(signin_report PRIVATE ${PROJECT_SOURCE_DIR}/tests/launcher)
endif()
