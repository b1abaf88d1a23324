// placeholder: the module is written by the Python module work
