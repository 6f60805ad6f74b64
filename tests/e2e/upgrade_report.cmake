# What a workstation reports after its upgrade check: the launcher's windows, the throwaway
# cluster and pyftpdlib, read back as an administrator.
qv_add_test(e2e_upgrade_report e2e SOURCES UpgradeReportTest.cpp
  LIBS qv_launcher qv_test_pg qv_test_ftp qv_test_dialogs qv_test_programs)
target_include_directories(e2e_upgrade_report PRIVATE ${PROJECT_SOURCE_DIR}/tests/launcher)
