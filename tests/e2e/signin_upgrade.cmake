# Sign-in, upgrade and launch end to end: the launcher's windows, the throwaway cluster, the
# pyftpdlib server (and the scripted one for a server that dies mid-file).
qv_add_test(e2e_signin_upgrade e2e SOURCES SignInUpgradeTest.cpp
  LIBS qv_launcher qv_test_pg qv_test_ftp qv_test_dialogs qv_test_programs TIMEOUT 300)
target_include_directories(e2e_signin_upgrade PRIVATE ${PROJECT_SOURCE_DIR}/tests/launcher)
