# tests of the line protocol and supervision
