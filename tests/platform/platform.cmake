# The platform stand-ins, each on real files and real processes.
qv_add_test(tst_drivemapping unit SOURCES tst_drivemapping.cpp LIBS qv_platform)
qv_add_test(tst_messagedialogs unit SOURCES tst_messagedialogs.cpp LIBS qv_platform qv_test_dialogs)
qv_add_test(tst_processstart unit SOURCES tst_processstart.cpp LIBS qv_platform qv_test_programs)
qv_add_test(tst_iconextract unit SOURCES tst_iconextract.cpp LIBS qv_platform qv_test_programs)
qv_add_test(qv_icon_blob unit SOURCES IconBlobTest.cpp LIBS qv_platform qv_test_programs)
