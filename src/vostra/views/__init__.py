"""The views layer: what a result looks like — matplotlib figures, plotly
panels, the HTML report and its drill-downs, notebook HTML and tables. It
reads results; nothing below it imports it at module level."""
