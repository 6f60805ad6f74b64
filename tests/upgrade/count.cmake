# CountOutdated against the throwaway cluster: the upgrade query, the settings file, the folders.
qv_add_test(upgrade_count db SOURCES UpgradeCountTest.cpp
  LIBS qv_upgrade qv_test_pg qv_test_dialogs qv_test_programs)
