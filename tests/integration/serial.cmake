# serial integration tests
