# Run buttons on their own: the unit is compiled in, so the test needs only the platform.
qv_add_test(tst_buttrun gui
  SOURCES tst_buttrun.cpp ${PROJECT_SOURCE_DIR}/src/launcher/Buttrun.cpp
          ${PROJECT_SOURCE_DIR}/src/launcher/Buttrun.h
  LIBS qv_platform qv_test_programs Qt6::Widgets
  # The wine row makes a new wine prefix: tens of seconds on a loaded machine.
  TIMEOUT 420)
qv_include_root(launcher launcher_root)
target_include_directories(tst_buttrun PRIVATE ${launcher_root})
