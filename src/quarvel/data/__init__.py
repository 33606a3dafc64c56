"""Market data around the tick source: trading calendar, tick-file checks, offline broker."""
