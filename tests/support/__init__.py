"""Helpers the test suites share: run inputs, a fresh interpreter, the
reference model of a run and randomised scenarios."""
