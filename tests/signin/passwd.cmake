# Password change dialog against the throwaway cluster.
qv_add_test(signin_passwd db SOURCES passwd_test.cpp LIBS qv_signin qv_test_pg qv_test_dialogs)
