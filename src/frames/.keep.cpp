// The subsystem's sources land beside this file.
