# Data layer: pure pieces (unit) and those that need the throwaway cluster (db).
qv_add_test(data_dialect unit SOURCES dialect.cpp LIBS qv_data)
qv_add_test(data_dataset unit SOURCES dataset.cpp LIBS qv_data)
qv_add_test(data_profilefile unit SOURCES profilefile.cpp LIBS qv_data)
qv_add_test(data_connectoptions unit SOURCES connectoptions.cpp LIBS qv_data)
qv_add_test(data_connection db SOURCES connection.cpp LIBS qv_data qv_test_pg)
qv_add_test(data_query db SOURCES query.cpp LIBS qv_data qv_test_pg)
qv_add_test(data_schema db SOURCES schema.cpp LIBS qv_data qv_test_pg)
qv_add_test(data_sqltexts db SOURCES sqltexts.cpp LIBS qv_data qv_test_pg)
