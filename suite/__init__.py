"""The kel regression suite: its runner, builds, launcher, tracing, benchmarks and fuzzing, as one package run with python3 -m suite.NAME."""
