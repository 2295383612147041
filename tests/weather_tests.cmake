# Tests of the weather subsystem.
