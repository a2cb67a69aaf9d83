"""The Wine lab: the real Windows program end to end in a throw-away 32-bit machine."""
