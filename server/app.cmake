# varno (executable)
