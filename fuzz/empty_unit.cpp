// An empty translation unit, standing in for a source directory that has no file yet.
