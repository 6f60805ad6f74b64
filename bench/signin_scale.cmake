# Sign-in at the scale of a large organisation (bench/scale-data.sql): the per-user
# statements, pgbench at 20 clients, and the launcher's big sign-in against psql.
add_executable(signin_scale ${CMAKE_CURRENT_LIST_DIR}/signin_scale.cpp)
target_link_libraries(signin_scale PRIVATE qv_bench_measure qv_launcher)
target_compile_definitions(signin_scale PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
