"""For vulture, which looks for unused code: the test groups that CTest names
(tests/CMakeLists.txt) and unittest finds by their names, which no code
calls. Never run."""
import test_bakers, test_fendrow, test_output, test_threads, test_timeline, test_units

(test_bakers.RealTime, test_bakers.Compressed, test_bakers.Failures, test_bakers.Stress, test_bakers.Valgrind,
 test_fendrow.RealTime, test_fendrow.Compressed, test_fendrow.Failures,
 test_output.LostOutput, test_output.Constants,
 test_threads.RealTime, test_threads.Compressed, test_threads.Failures,
 test_timeline.Bakers, test_timeline.Others, test_timeline.Programs, test_timeline.Hostile,
 test_timeline.Races, test_timeline.Cxx, test_timeline.Hangs, test_timeline.Recorder, test_timeline.Shake,
 test_units.Reader, test_units.Analysis, test_units.Writers, test_units.Parts)
