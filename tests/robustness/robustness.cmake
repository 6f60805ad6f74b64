# Hostile input and crash recovery: parsers fed random or lying bytes (unit), FTP servers that
# send endless or broken reply lines (net), and a launcher stand-in killed with SIGKILL while
# it writes the settings file (unit) or downloads an upgrade (db).
qv_add_test(robust_hostile_input unit SOURCES HostileInputTest.cpp
  LIBS qv_data qv_platform qv_test_programs)
qv_add_test(robust_ftp_replies net SOURCES FtpReplyTest.cpp LIBS qv_net qv_test_ftp)

# The child process the kill tests kill: it links the real libraries and does the real work.
add_executable(qv_kill_target killtarget.cpp KillTarget.h)
target_link_libraries(qv_kill_target PRIVATE qv_launcher qv_test_dialogs qv_test_programs
  Qt6::Widgets)
target_include_directories(qv_kill_target PRIVATE ${PROJECT_SOURCE_DIR}/tests/launcher)

qv_add_test(robust_kill_settings unit SOURCES KillSettingsTest.cpp LIBS qv_data)
qv_add_test(robust_kill_upgrade db SOURCES KillUpgradeTest.cpp
  LIBS qv_data qv_test_ftp qv_test_pg qv_test_programs)
foreach(test robust_kill_settings robust_kill_upgrade)
  target_compile_definitions(${test} PRIVATE QV_KILL_TARGET="$<TARGET_FILE:qv_kill_target>")
  add_dependencies(${test} qv_kill_target)
endforeach()
