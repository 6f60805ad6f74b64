# Toolbar configuration dialog against the throwaway cluster.
qv_add_test(toolbarconf_dialog db SOURCES toolbarconf_test.cpp
  LIBS qv_toolbarconf qv_test_pg qv_test_dialogs)
