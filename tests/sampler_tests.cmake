# Tests of the sampler subsystem.
