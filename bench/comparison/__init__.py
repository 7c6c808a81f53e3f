"""The pieces of bench/compare.py: the clients compared (`clients/`, one module
each), the child processes that run them (`child`), the measuring server
(`measuring_server`), the parent that runs the measurements (`bench`) and the
table, chart and machine description (`report`)."""
