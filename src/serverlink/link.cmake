# frames, send queue, greeting, link steps and thread
