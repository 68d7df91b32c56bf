# line protocol and station link supervision
