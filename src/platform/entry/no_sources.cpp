// Keeps the system library buildable while a subsystem folder is still empty.
