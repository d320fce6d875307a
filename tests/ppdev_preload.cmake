# (placeholder: the ppdev LD_PRELOAD library target goes here)
