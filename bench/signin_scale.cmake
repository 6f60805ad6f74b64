# Sign-in at the scale of a large organisation (bench/scale-data.sql): the per-user
# statements, the floor and the whole sign-in over TLS and SCRAM, offered loads, and the
# launcher's big sign-in against psql.
add_executable(signin_scale ${CMAKE_CURRENT_LIST_DIR}/signin_scale.cpp
                            ${CMAKE_CURRENT_LIST_DIR}/ServerLoad.cpp)
target_link_libraries(signin_scale PRIVATE qv_bench_measure qv_launcher)
target_compile_definitions(signin_scale PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
