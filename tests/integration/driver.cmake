# driver integration tests
