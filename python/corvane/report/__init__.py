"""The cohort report: the numbers gathered once, and the page made from them."""
