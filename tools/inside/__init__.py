"""The stages of tools/timeline.py, a module each, in the order a run takes:

  record    runs the program under uftrace, on a terminal, and watches it;
  live      what the kernel and the program's memory say of a live run: a
            hang found, and each thread's pending call when it is stopped;
  read      reads uftrace's record into the calls of each thread;
  symbols   names an address from the program's symbols;
  lines     which call wrote each line that reached the terminal;
  analyse   roles, objects, states, hand-overs, holders, values;
  explain   why a hung run could not go on;
  trace, picture, table   the writers.
"""
