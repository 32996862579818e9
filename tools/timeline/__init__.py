"""The timeline tool (tools/timeline.py): a run of a program seen from the
inside. Its stages, a module each, in the order a run takes them, around
one model of a run (model.py) that every output reads:

  options      the command line, as one typed object (Options)
  command      the run, stage by stage: record, read, analyse, write
  record       runs the program with the recording library, on a terminal
  recorder.c   the recording library: a wrapper for each call of the table
  watch        a run while it goes on: a hang, a deadline, a stop
  snapshot     the live program when it is stopped: waits, memory, stacks
  read         the record's files into each thread's calls (Record)
  helgrind     Helgrind's logs of a second run, for --races
  analyse      builds the model from the record (Run), with:
    prepare      each thread's calls as the analysis reads them
    threads      who is who: roles, tracks, whom each join waited for
    objects      the objects of the calls, each named as the source names it
    mutexes      holds of mutexes and read-write locks, locks that blocked
    semaphores   semaphores' values; futex objects, conditions, barriers
    lines        which thread wrote each line that reached the terminal
    races        Helgrind's races in the trace's names; atomics: what it cannot see
  trace        writes the model in the Trace Event Format (PREFIX.json)
  picture      draws the model (PREFIX.png)
  table        writes the report: the table, the ending, the races
  explain      words for a hang
  endings      words for how a run ended
and what they share:
  calls        the table of calls and the kinds of object: the one place a call is known
  model        the model of a run
  programs     what the tool knows of this project's own four programs
  symbols      names for addresses: symbols, debugging information, sources
  debuginfo    the debugging information's variables, types and functions
  sources      the program's own source lines, and the expressions that name objects
  elf          an ELF file's headers
  cxx          what a std::thread runs; which C++20 object a futex word is
  errors       the tool's own failures
"""
