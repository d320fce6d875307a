# (placeholder: the fake inpout32.dll target goes here)
