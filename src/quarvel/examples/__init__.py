"""Example strategies; copy one as the starting point of your own."""
