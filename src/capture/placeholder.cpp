// replaced as the subsystem lands
