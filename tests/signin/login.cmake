qv_add_test(qv_login_dialog gui
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/LoginDialogTest.cpp
  LIBS qv_signin qv_test_pg qv_test_dialogs)
