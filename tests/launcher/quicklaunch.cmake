# The quick-launch bars of the main window against the throwaway cluster.
qv_add_test(tst_quicklaunch db
  SOURCES tst_quicklaunch.cpp
  LIBS qv_launcher qv_test_pg qv_test_dialogs qv_test_programs)
