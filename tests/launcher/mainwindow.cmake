qv_add_test(qv_main_window gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/MainWindowTest.cpp ${CMAKE_CURRENT_LIST_DIR}/LauncherHarness.h
  LIBS qv_launcher qv_test_pg qv_test_dialogs qv_test_programs
  TIMEOUT 180)
qv_add_test(qv_program_list gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ProgramListTest.cpp ${CMAKE_CURRENT_LIST_DIR}/LauncherHarness.h
  LIBS qv_launcher qv_test_pg qv_test_dialogs qv_test_programs
  TIMEOUT 180)
