/* Gives every driver object library at least one unit while its subsystem is
   being written; it defines nothing. */
