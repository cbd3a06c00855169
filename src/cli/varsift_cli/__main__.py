from varsift_cli import main

main()
