"""The output layer: the text report (``report``), the figure (``figures``), the summary's
files (``files``) and the all-or-nothing writer they go through."""
