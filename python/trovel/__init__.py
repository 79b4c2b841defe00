"""trovel: exact planar geometry on numpy arrays."""
