# (being written)
