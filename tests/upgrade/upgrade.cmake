# Upgrade utility: path rules and file replacement (unit), the count against the throwaway
# cluster (db), the run against the scripted FTP server (net).
qv_add_test(upgrade_paths unit SOURCES UpgradePathsTest.cpp LIBS qv_upgrade)
qv_add_test(upgrade_run net SOURCES UpgradeRunTest.cpp
  LIBS qv_upgrade qv_test_ftp qv_test_dialogs qv_test_programs)
