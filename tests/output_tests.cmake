# Tests of the output subsystem.
