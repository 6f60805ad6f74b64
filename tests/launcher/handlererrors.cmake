qv_add_test(qv_handler_errors gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/HandlerErrorTest.cpp ${CMAKE_CURRENT_LIST_DIR}/LauncherHarness.h
  LIBS qv_launcher qv_test_pg qv_test_dialogs qv_test_programs
  TIMEOUT 180)
