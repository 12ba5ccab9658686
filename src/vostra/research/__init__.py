"""The research layer: many runs at once — sweeps of options on threads or
Ray, walk-forward selection and the overfitting statistics of a search. It
builds on the run and results layers."""
