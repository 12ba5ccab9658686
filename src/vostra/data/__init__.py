"""The data layer: markets and weights as they come in, checked and turned
into the arrays the engine reads (prices, weights, schedules, delistings,
the bars' frequency). It imports nothing of the package but the engine
loader."""
