# link integration tests
